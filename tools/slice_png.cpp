// Placeholder until the slice picture tool lands.
int main() { return 1; }
