#!/bin/sh
# fpflash under memcheck. Any invalid access or leak is reported on stderr and changes the exit
# status, and the scenario runner fails a run on either.
exec valgrind -q --error-exitcode=99 --leak-check=full \
    --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
    "${FPFLASH_REAL:?}" "$@"
