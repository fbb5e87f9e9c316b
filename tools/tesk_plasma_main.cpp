#include "tesk_plasma.h"

int main(int argc, char** argv) { return plasmaMain(argc, argv); }
