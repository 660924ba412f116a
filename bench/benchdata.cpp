// velantia-benchdata: lays the benchmark data and prepares each closing call.
//
//   velantia-benchdata generar completa|decima RAIZ
//   velantia-benchdata cierre  completa|decima RAIZ   (50 medicines recorded, outbox reset)
//   velantia-benchdata codigos completa|decima        (the dispensing, one code a line)
#include <cstdio>
#include <string>

#include "dataset.h"

int main(int argc, char* argv[]) {
    const std::string verb = argc > 1 ? argv[1] : "";
    if (argc < 3 || (verb != "codigos" && argc < 4)) {
        std::fprintf(stderr, "uso: velantia-benchdata generar|cierre|codigos completa|decima [RAIZ]\n");
        return 2;
    }
    const auto scale = vl::bench::scaleNamed(argv[2]);
    if (verb == "codigos") {
        for (const auto& c : vl::bench::dispensingCodes(scale))
            std::printf("%s\n", c.c_str());
        return 0;
    }
    const vl::fs::path root(argv[3]);
    if (verb == "generar") return vl::bench::generate(scale, root) ? 0 : 1;
    if (verb == "cierre") return vl::bench::prepareClosingCall(scale, root) ? 0 : 1;
    return 2;
}
