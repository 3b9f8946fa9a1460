// Decodes the LZX and Quantum folders of the cabinets named on the command line with the engine's
// block decoders alone and writes the decoded data to stdout, as `cabextract -p` writes the files
// (whose data is the folders' data when they fill them in order). The reader's I/O, checksums and
// callbacks are left out, so the figure is the decoders'. The decoders' own CPU time and speed go
// to stderr.
// Usage: lzx_bench CAB...  (single cabinets; a block continued in the next cabinet is refused)
#include <cstdio>
#include <ctime>
#include <fstream>
#include <vector>

#include "cabinet/codec/codec.h"
#include "cabinet/fdi_fci_types.h"
#include "cabinet/format/cab_format.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::clock_t decode_clock = 0;
double decoded_bytes = 0;

// Decodes every LZX and Quantum folder of `cab`; false on a malformed cabinet or stream.
bool DecodeCabinet(const Bytes &cab, const char *name) {
    using namespace cab;
    auto bad = [name](const char *why) {
        std::fprintf(stderr, "%s: %s\n", name, why);
        return false;
    };
    if (cab.size() < CabHeader::kEncodedLength + CabHeader::kReserveSizesLength) {
        return bad("too short");
    }
    CabHeader header = CabHeader::Decode(cab.data());
    if (header.has_reserve()) {
        header.DecodeReserveSizes(cab.data() + CabHeader::kEncodedLength);
    }
    if (header.flags & (kFlagPrevCabinet | kFlagNextCabinet)) {
        return bad("part of a set; only single cabinets are measured");
    }
    size_t at = header.NamesOffset();
    const size_t folder_size = CabFolder::kEncodedLength + header.cbCFFolder;
    Bytes out(kBlockSize);
    for (unsigned i = 0; i < header.cFolders; ++i, at += folder_size) {
        if (at + folder_size > cab.size()) {
            return bad("folder record out of the file");
        }
        CabFolder folder = CabFolder::Decode(cab.data() + at);
        int method = folder.typeCompress & tcompMASK_TYPE;
        if (method != tcompTYPE_LZX && method != tcompTYPE_QUANTUM) {
            continue;
        }
        CreateStatus status;
        DecoderPtr decoder = CreateDecoder(folder.typeCompress, &status);
        if (!decoder) {
            return bad("decoder not available");
        }
        size_t block_at = folder.coffCabStart;
        for (unsigned b = 0; b < folder.cCFData; ++b) {
            if (block_at + CabData::kEncodedLength + header.cbCFData > cab.size()) {
                return bad("data block out of the file");
            }
            CabData data = CabData::Decode(cab.data() + block_at);
            size_t in_at = block_at + CabData::kEncodedLength + header.cbCFData;
            if (in_at + data.cbData > cab.size() || data.cbUncomp > kBlockSize) {
                return bad("data block out of bounds");
            }
            std::clock_t start = std::clock();
            DecodeStatus result =
                decoder->DecodeBlock(cab.data() + in_at, data.cbData, out.data(), data.cbUncomp);
            decode_clock += std::clock() - start;
            decoded_bytes += data.cbUncomp;
            if (result != DecodeStatus::kOk) {
                return bad("decoding failed");
            }
            std::fwrite(out.data(), 1, data.cbUncomp, stdout);
            block_at = in_at + data.cbData;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        // Read in one piece: a byte-wise read would cost as much as decoding.
        std::ifstream in(argv[i], std::ios::binary | std::ios::ate);
        Bytes cab(in ? size_t(in.tellg()) : 0);
        in.seekg(0);
        in.read(reinterpret_cast<char *>(cab.data()), std::streamsize(cab.size()));
        if (!in) {
            std::fprintf(stderr, "%s: cannot read\n", argv[i]);
            return 2;
        }
        failures += !DecodeCabinet(cab, argv[i]);
    }
    double seconds = double(decode_clock) / CLOCKS_PER_SEC;
    std::fprintf(stderr, "lzx_bench: %.1f MiB decoded in %.3f s of CPU: %.1f MiB/s\n",
                 decoded_bytes / 1048576, seconds,
                 seconds > 0 ? decoded_bytes / 1048576 / seconds : 0);
    return failures == 0 ? 0 : 1;
}
