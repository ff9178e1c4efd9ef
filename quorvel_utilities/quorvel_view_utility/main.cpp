#include <iostream>

#include "ViewCommand.h"

int main(int argc, char** argv)
{
    return Quorvel::FinalView::runViewCommand({argv + 1, argv + argc}, std::cout, std::cerr);
}
