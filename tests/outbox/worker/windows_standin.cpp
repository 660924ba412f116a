// Stands in for velantia-ventanas beside the launcher in the launcher tests: a closing call the
// launcher hands over (busy) ends here and is made again; a failed move is an error.
#include <cstdlib>

int main() {
    const char* failed = std::getenv("VELANTIA_CIERRE_FALLIDO");
    return failed && *failed ? 1 : 0;
}
