#include <cstdio>

int main() {
    std::fputs("valdane-service: not built yet\n", stderr);
    return 1;
}
