/* Runs when the machine can execute programs of this build's architecture. */
int main(void) { return 0; }
