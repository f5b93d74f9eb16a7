#include "inplace_norm.h"

int main(int argc, char** argv)
{
    return lumetrim_main(argc, argv);
}
