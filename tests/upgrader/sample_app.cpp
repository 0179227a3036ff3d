// A program of the upgrade tests: only its version record is read.
int main() {
    return 0;
}
