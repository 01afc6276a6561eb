#include <iostream>

#include "tools/kura/table_report.h"

int main(int argc, char** argv) { return kura::tool::RunCommandLine(argc - 1, argv + 1, std::cout, std::cerr); }
