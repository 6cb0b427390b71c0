/*
 * main.cpp - brisum-sim: see the driver work and reproduce what it meets,
 * in a simulated world with virtual time.
 */
#include <iostream>
#include <string>
#include <vector>

#include "Cli.h"

int main(int argc, char **argv)
{
    std::vector<std::string> Args(argv + 1, argv + argc);
    return sim::RunCommandLine(Args, std::cin, std::cout, std::cerr);
}
