// An executable that carries no version block.
int main() {
    return 0;
}
