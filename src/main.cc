#include "tempova.h"

// The argument vector and environment are not used: the child's command line is taken from our
// own raw command line, character for character.
int main(int argc, char**, char**) { return tempova_main(argc); }
