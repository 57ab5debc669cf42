#include "checker/checker.h"

int main(int argc, char **argv)
{
    return checkerMain(argc, argv);
}
