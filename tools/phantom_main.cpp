// Placeholder until the phantom generator lands.
int main() { return 1; }
