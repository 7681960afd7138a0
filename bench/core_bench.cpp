// Placeholder; the benchmark of the core lands with the backends.
int main() { return 0; }
