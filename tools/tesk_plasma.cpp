// tesk-plasma: writes a plasma-fractal heightmap. (Stand-in; being built.)
int main() { return 0; }
