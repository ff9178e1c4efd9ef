#include <iostream>
#include <new>

#include "ViewCommand.h"

int main(int argc, char** argv)
{
    // A picture size and supersampling within bounds can still need more
    // memory than the machine gives: say so rather than abort.
    try {
        return Quorvel::FinalView::runViewCommand({argv + 1, argv + argc}, std::cout, std::cerr);
    } catch (const std::bad_alloc&) {
        std::cerr << "quorvel_view: not enough memory for the picture asked for (see --size and --supersample)\n";
        return 1;
    }
}
