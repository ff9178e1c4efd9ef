#include <iostream>

#include "Merger.h"

int main(int argc, char** argv)
{
    return Quorvel::Merger::runMerger(argc, argv, std::cout);
}
