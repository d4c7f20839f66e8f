// Fuzzes everything a peer's bytes reach in the request reader: the request head parser fed
// in receives of any size (the first byte picks the sizes and whether the stream ends), the
// line cutting, the limits, the tokenizer and the classification.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "net/request_reader.h"
#include "run/run_state.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool IsKind(int k) { return k >= REQ_ERASE_START && k <= REQ_IMAGE_MTD6; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t control = data[0];
    const size_t piece = 1 + (control & 0x3F) * 37u;  // 1 to 2332 bytes per receive
    const bool closes = (control & 0x40) != 0;
    const bool wants_headers = (control & 0x80) != 0;
    ++data;
    --size;

    auto head = std::make_unique<RequestHead>();
    RequestHead::Status status = head->Parse();
    Check(status == RequestHead::NEED_MORE);
    bool decided = false;
    size_t at = 0;
    for (;;) {
        if (status == RequestHead::REQUEST) {
            Check(!decided);  // said once
            decided = true;
            Check(IsKind(head->Kind()));
            if (!wants_headers) break;
            head->ReadHeaders();
            status = head->Parse();
            continue;
        }
        if (status == RequestHead::COMPLETE) {
            Check(decided && wants_headers);
            break;
        }
        if (status == RequestHead::REJECTED) {
            Check(head->Parse() == RequestHead::REJECTED);  // final
            break;
        }
        if (at >= size) {
            if (!closes) break;
            head->Closed();
            status = head->Parse();
            // At the end of the stream nothing stays undecided.
            Check(status != RequestHead::NEED_MORE || (decided && !wants_headers));
            if (status == RequestHead::NEED_MORE) break;
            continue;
        }
        size_t n = size - at < piece ? size - at : piece;
        if (n > head->SpaceLeft()) n = head->SpaceLeft();
        Check(n > 0);  // a full head is never left waiting for more
        std::memcpy(head->Space(), data + at, n);
        head->Received(n);
        at += n;
        Check(head->Used() <= REQUEST_HEAD_LIMIT);
        status = head->Parse();
    }
    return 0;
}
