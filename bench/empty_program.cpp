// The baseline for whole runs of the tool: a C++ program that does nothing, linked as the
// tool is.
int main() {
    return 0;
}
