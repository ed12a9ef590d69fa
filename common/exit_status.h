// Exit status of a command that reports a result code.
#ifndef TAVO_EXIT_STATUS_H
#define TAVO_EXIT_STATUS_H

// The shell sees only the low eight bits of a status, so a failure such as
// 256 or -256 would read as success: such a result exits with 1 instead.
// Every other result keeps its low eight bits (-1 shows as 255).
constexpr int exitStatusFor(int result)
{
    const int status = result & 0xff;
    return (result != 0 && status == 0) ? 1 : status;
}

#endif
