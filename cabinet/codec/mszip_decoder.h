// MSZIP decoders behind the codec seam. NewMszipDecoder (codec.h) gives the fastest one built:
// ISA-L's inflate when the build found it, else zlib. The zlib one stays available as the
// reference the other is checked against.
#pragma once

#include "cabinet/codec/codec.h"

namespace cab {

DecoderPtr NewZlibMszipDecoder(const CallerAllocator &allocator = HeapAllocator());

// Null when the build has no ISA-L.
DecoderPtr NewIsalMszipDecoder(const CallerAllocator &allocator = HeapAllocator());

}  // namespace cab
