// Finding RTU frames in a receive buffer by their length, as a Modbus master's
// receiver does, for lines that end frames after 3.5 character times. Pure
// functions over bytes: no port, no clock.
//
// A frame's length follows from its function code (Modbus over serial line):
//   requests  1 to 6 and 8: 8 bytes; 15 and 16: 9 + the byte count at [6];
//   replies   1 to 4: 5 + the byte count at [2]; 5, 6, 8, 15, 16: 8 bytes;
//             an exception (function code with its top bit set): 5 bytes.
// A frame for this slave is read as a request only; a frame for another slave
// may be either, so each length it could have is tried, shortest first, and
// the first whose CRC holds is the frame.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pellacor {

// What the start of a buffer holds.
struct RtuCut {
    enum class Kind : uint8_t {
        Frame,    // a whole frame of `length` bytes whose CRC holds
        NeedMore, // a frame that the bytes still to come may complete
        Unknown   // no length the function code allows fits: wait for silence
    };
    Kind kind = Kind::Unknown;
    size_t length = 0;
};

// `ours`: the first byte names a slave this link serves (or 0, a broadcast).
RtuCut RtuFrameAtStart(const uint8_t* data, size_t size, bool ours);

// One piece of a buffer whose line went silent.
struct RtuPiece {
    size_t offset = 0;
    size_t length = 0;
};

// Splits a buffer ended by silence into frames. The whole buffer is one frame
// when its CRC holds (or nothing shorter does); otherwise it is cut after the
// first prefix that is a frame, by its function code's lengths first and then
// by any prefix of 4 bytes or more whose CRC holds, and the rest is split the
// same way. What no cut explains stays one piece, which fails its CRC. The
// pieces cover the buffer in order, without gaps. `ours(slave)` tells whether
// this link serves a slave id.
std::vector<RtuPiece> SplitRtuBuffer(const uint8_t* data, size_t size, bool (*ours)(uint8_t slave));

// 3.5 character times of 11 bits at `baudRate`; 1750 us above 19200 baud.
std::chrono::nanoseconds RtuInterFrameSilence(uint32_t baudRate);

} // namespace pellacor
