#include "cabinet/codec.h"

namespace cab {

std::unique_ptr<BlockDecoder> NewQuantumDecoder(int, int, bool *supported) {
    *supported = false;
    return nullptr;
}

}  // namespace cab
