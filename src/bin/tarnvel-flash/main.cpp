// Placeholder entry: replaced by the board loop.
int main() { return 0; }
