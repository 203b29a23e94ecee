/* Prints the version of the library it is linked against (environment mode 10). */
#include <stdio.h>

#include "mdnio.h"

int main(void) {
    MdkEnv* env = MDK_AllocEnv();
    if (!env) {
        fprintf(stderr, "mdnio: no memory for an environment\n");
        return 1;
    }
    long version = (long)MDGetEnvMode(env, 10);
    printf("mdnio %ld.%ld.%ld (%ld)\n", version / 1000000, version / 1000 % 1000, version % 1000,
           version);
    MDK_DeAllocEnv(env);
    return 0;
}
