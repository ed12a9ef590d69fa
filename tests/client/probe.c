/* A client of libtavointerpreter built only from its installed header and
 * pkg-config: calls one function and prints its result.
 *   probe compilePolicy | compileInitPolicy | sendPolicy
 *   probe compileSectionPolicy NS SEC
 *   probe modifyDynamicVariable NS VAR VALUE
 * A name given as "(null)" is passed as a null pointer. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tavointerpreter.h>

static const char *name(const char *arg)
{
    return strcmp(arg, "(null)") == 0 ? NULL : arg;
}

int main(int argc, char **argv)
{
    int result;
    if (argc == 2 && strcmp(argv[1], "compilePolicy") == 0)
        result = compilePolicy();
    else if (argc == 2 && strcmp(argv[1], "compileInitPolicy") == 0)
        result = compileInitPolicy();
    else if (argc == 2 && strcmp(argv[1], "sendPolicy") == 0)
        result = sendPolicy();
    else if (argc == 4 && strcmp(argv[1], "compileSectionPolicy") == 0)
        result = compileSectionPolicy(name(argv[2]), name(argv[3]));
    else if (argc == 5 && strcmp(argv[1], "modifyDynamicVariable") == 0)
        result = modifyDynamicVariable(name(argv[2]), name(argv[3]), atoi(argv[4]));
    else {
        fprintf(stderr, "probe: bad arguments\n");
        return 2;
    }
    printf("%d\n", result);
    return 0;
}
