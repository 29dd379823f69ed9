#include "Application.h"

int main(int argc, char **argv)
{
    return vellora::runVellora(argc, argv);
}
