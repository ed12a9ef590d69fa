# operators, sections and keyword spacing
string name = gram
bool on = true
dynamic bool guard = false
%ENDSEC
%SECTION	night
	allow	0 "/usr/bin/app" "/srv/data" dir { read, search } if (!$guard & checkTime("22:00", 6) | 'quota check'(0x10) >= limit(true))
%ENDSEC # closes night
detect * * * file { write } if ((a != b) <= !c = d) do { notify("w"), log }
