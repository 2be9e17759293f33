#include <iostream>

#include "error.h"

int main() {
    failure::installTerminateHandler();
    std::cout << "\n|--------------------------------------|\n"
                 "| Welcome to Tesmaro v2.0              |\n"
                 "|                                      |\n"
                 "|                                      |\n"
                 "| Help :                               |\n"
                 "| - ./tesmaro --help                   |\n"
                 "|                                      |\n"
                 "|--------------------------------------|\n\n";
    return 0;
}
