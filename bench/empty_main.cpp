// The cost of starting and ending a process that does nothing: bench/startup
// compares every demonstration with it.
int main() { return 0; }
