#include "cabinet/codec/codec.h"

#include "cabinet/fdi_fci_types.h"

namespace cab {

DecoderPtr CreateDecoder(uint16_t type_compress, CreateStatus *status,
                         const CallerAllocator &allocator) {
    DecoderPtr decoder;
    bool supported = true;
    switch (type_compress & tcompMASK_TYPE) {
        case tcompTYPE_NONE:
            decoder = NewStoredDecoder(allocator);
            break;
        case tcompTYPE_MSZIP:
            decoder = NewMszipDecoder(allocator);
            break;
        case tcompTYPE_LZX: {
            int window = LZXCompressionWindowFromTCOMP(type_compress);
            if (window < 15 || window > 21) {
                supported = false;
                break;
            }
            decoder = NewLzxDecoder(window, &supported, allocator);
            break;
        }
        case tcompTYPE_QUANTUM: {
            int level = CompressionLevelFromTCOMP(type_compress);
            int window = CompressionMemoryFromTCOMP(type_compress);
            if (window < 10 || window > 21) {
                supported = false;
                break;
            }
            decoder = NewQuantumDecoder(level, window, &supported, allocator);
            break;
        }
        default:
            supported = false;
            break;
    }
    if (!supported) {
        *status = CreateStatus::kUnsupported;
        return nullptr;
    }
    *status = decoder ? CreateStatus::kOk : CreateStatus::kNoMemory;
    return decoder;
}

}  // namespace cab
