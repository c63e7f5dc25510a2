// RTU receive over arbitrary frames. The first byte chooses the connection's
// options, whether the frame gets a valid CRC, and whether the bytes go
// through the length-aware splitter of lines that end frames after 3.5
// characters, so that most inputs reach request processing instead of
// failing the check.
//
// Through the splitter: the pieces cover the buffer in order, a frame found
// by length lies within the bytes given and its CRC holds, and no reply is
// sent for a piece whose CRC fails. The buffer is a copy of its exact size,
// so a read past it is caught.
#include "fuzz_check.h"
#include "fuzz_request_plant.h"
#include "rtu_split.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

bool CrcHolds(const uint8_t* data, size_t length) {
    return length > 2 &&
           pellacor::Crc16(data, length - 2) == static_cast<uint16_t>(data[length - 2] | data[length - 1] << 8);
}

bool Ours(uint8_t slave) { return slave <= 1; }

struct Piece {
    const uint8_t* data;
    size_t length;
};

void MustHoldCrc(void* context, const uint8_t*, size_t) {
    const Piece& piece = *static_cast<const Piece*>(context);
    fuzz::Check(CrcHolds(piece.data, piece.length));
}

void Split(pellacor::Connection& c, const uint8_t* input, size_t size) {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size]);
    std::copy_n(input, size, buffer.get());
    const uint8_t* data = buffer.get();
    for (bool ours : {false, true}) {
        const pellacor::RtuCut cut = pellacor::RtuFrameAtStart(data, size, ours);
        if (cut.kind == pellacor::RtuCut::Kind::Frame) fuzz::Check(cut.length <= size && CrcHolds(data, cut.length));
    }
    size_t next = 0;
    for (const pellacor::RtuPiece& piece : pellacor::SplitRtuBuffer(data, size, &Ours)) {
        fuzz::Check(piece.offset == next && piece.length > 0 && piece.offset + piece.length <= size);
        next = piece.offset + piece.length;
        Piece current{data + piece.offset, piece.length};
        pellacor::RtuReceive(c, current.data, current.length, {&current, &MustHoldCrc});
    }
    fuzz::Check(next == size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzplant::DefineOnce();
    if (size == 0) return 0;
    pellacor::Connection c;
    c.options = data[0] & 1;
    std::vector<uint8_t> frame(data + 1, data + size);
    if (data[0] & 2) {
        const uint16_t crc = pellacor::Crc16(frame.data(), frame.size());
        frame.push_back(static_cast<uint8_t>(crc));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
    }
    if (data[0] & 4) {
        Split(c, frame.data(), frame.size());
        return 0;
    }
    pellacor::RtuReceive(c, frame.data(), frame.size(), {nullptr, fuzzplant::Discard});
    return 0;
}
