#include "lumescope.h"

int main(int argc, char** argv)
{
    return lumescope_main(argc, argv);
}
