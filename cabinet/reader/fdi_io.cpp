#include "cabinet/reader/fdi_io.h"

#include <cstring>

#include "platform/crt.h"

namespace cab {

bool CabInput::Init() {
    return buffer_.data() || buffer_.Allocate(callbacks_->allocator(), kInitialBufferSize);
}

void CabInput::Grow() {
    CallerMemory bigger;
    // Without the larger buffer the reads are only smaller, not wrong.
    if (!bigger.Allocate(callbacks_->allocator(), kBufferSize)) {
        return;
    }
    // Mapped at once: the read filling it would otherwise take a page fault every 4 KiB.
    AdviseLargePages(bigger.data(), bigger.size());
    memcpy(bigger.data(), buffer_.data(), end_);
    buffer_.Swap(bigger);
}

void CabInput::Attach(INT_PTR hf) {
    hf_ = hf;
    file_pos_ = 0;
    begin_ = end_ = 0;
    limit_ = UINT32_MAX;
    read_failed_ = false;
}

bool CabInput::Seek(uint32_t pos) {
    if (pos > limit_) {
        return false;
    }
    uint64_t buffered_start = file_pos_ - end_;
    if (pos >= buffered_start && pos <= file_pos_) {
        begin_ = size_t(pos - buffered_start);
        return true;
    }
    if (pos > uint32_t(INT32_MAX) ||
        callbacks_->seek(hf_, long(pos), 0 /* SEEK_SET */) != long(pos)) {
        return false;
    }
    file_pos_ = pos;
    begin_ = end_ = 0;
    return true;
}

size_t CabInput::Fill(size_t want, const uint8_t **data) {
    uint8_t *buf = buffer_.data();
    if (end_ - begin_ < want) {
        if (begin_ > 0) {
            memmove(buf, buf + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        // Grow once the cabinet is known to be larger than the buffer.
        if (buffer_.size() < kBufferSize && limit_ != UINT32_MAX &&
            limit_ - file_pos_ > buffer_.size() - end_) {
            Grow();
            buf = buffer_.data();
        }
        // One large read per refill: the whole free space, up to the cabinet's end.
        while (end_ < want && file_pos_ < limit_ && !read_failed_) {
            uint64_t room = buffer_.size() - end_;
            uint64_t left = limit_ - file_pos_;
            UINT chunk = UINT(room < left ? room : left);
            UINT got = callbacks_->read(hf_, buf + end_, chunk);
            if (got == UINT(-1)) {
                read_failed_ = true;
                break;
            }
            if (got == 0 || got > chunk) {
                break;
            }
            end_ += got;
            file_pos_ += got;
        }
    }
    *data = buf + begin_;
    // The buffer may hold bytes read before the limit was known; none past it count.
    uint64_t have = end_ - begin_;
    uint64_t pos = Position();
    uint64_t left = limit_ > pos ? limit_ - pos : 0;
    have = have < left ? have : left;
    return size_t(have < want ? have : want);
}

}  // namespace cab
