#include "driver/driver.h"

int main(int argc, char** argv)
{
    return fpflash_main(argc, argv);
}
