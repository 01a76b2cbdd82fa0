#include "tempova.h"

// The argument vector and environment are not used: the child's command line is taken from our
// own raw command line, character for character. On Windows the start-up code counts the
// arguments of the wide command line, so that the count agrees with the line we pass on.
int _tmain(int argc, TCHAR**, TCHAR**) { return tempova_main(argc); }
