#include "misuse.h"

std::string misuse(bool inForce, bool status, bool image, bool json, bool prometheus, bool output, bool strict,
                   bool paths)
{
    if (inForce && status)
        return "--in-force and --status cannot be combined";
    if ((inForce || status) && image)
        return std::string(inForce ? "--in-force" : "--status") + " does not take --image";
    if ((inForce || status) && strict)
        return std::string(inForce ? "--in-force" : "--status") + " does not take --strict";
    if (!status && prometheus)
        return "--prometheus goes with --status only";
    if (!status && output)
        return "--output goes with --status only";
    if (status && json && prometheus)
        return "--json and --prometheus cannot be combined";
    if (status && paths)
        return "--status takes no PATH: it reads the policy directory and the record";
    return std::string();
}
