// A program whose file the version record tests read; it is never run.
int main() {
    return 0;
}
