#include "app/startup.h"

int main(int argc, char** argv) { Tarvelo::Main(argc, argv); }
