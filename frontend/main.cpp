#include "frontend/tunedumps.h"

int main(int argc, char** argv) { return td_main(argc, argv); }
