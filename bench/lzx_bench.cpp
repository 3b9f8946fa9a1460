// Decodes the LZX (and Quantum) folders of the cabinets named on the command line with our block
// decoders and writes the decoded folder data to stdout, as `cabextract -p` does with file data.
// Usage: lzx_bench CAB... (paths relative to the corpus directory)
#include <cstdio>

#include "tests/lzx_test_util.h"

int main(int argc, char **argv) {
    using namespace cab;
    using namespace cab::test;
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<LogicalFolder> folders;
        if (!LoadFolders({argv[i]}, &folders)) {
            std::fprintf(stderr, "%s: cannot walk the cabinet\n", argv[i]);
            return 2;
        }
        for (const auto &folder : folders) {
            bool supported = false;
            std::unique_ptr<BlockDecoder> decoder;
            int method = folder.type_compress & tcompMASK_TYPE;
            if (method == tcompTYPE_LZX) {
                decoder =
                    NewLzxDecoder(LZXCompressionWindowFromTCOMP(folder.type_compress), &supported);
            } else if (method == tcompTYPE_QUANTUM) {
                decoder =
                    NewQuantumDecoder(CompressionLevelFromTCOMP(folder.type_compress),
                                      CompressionMemoryFromTCOMP(folder.type_compress), &supported);
            }
            if (!decoder)
                continue;
            // One reused output buffer: the test helper's exact-size copies would be measured too.
            std::vector<uint8_t> out(32768);
            DecodeStatus status = DecodeStatus::kOk;
            for (const auto &block : folder.blocks) {
                status = decoder->DecodeBlock(block.bytes.data(), block.bytes.size(), out.data(),
                                              block.cb_uncomp);
                if (status != DecodeStatus::kOk)
                    break;
                std::fwrite(out.data(), 1, block.cb_uncomp, stdout);
            }
            if (status != DecodeStatus::kOk) {
                std::fprintf(stderr, "%s: decoding failed\n", argv[i]);
                ++failures;
            }
        }
    }
    return failures == 0 ? 0 : 1;
}
