// The Engine Starter executable.
#include "app/starter_main.h"

int main(int argc, char** argv) { return StarterMain(argc, argv); }
