#pragma once

// Where a stream of the library stands, with the platform's stream status numbers.
enum class ZZStreamStatus {
    NotOpen = 0,
    Opening = 1,
    Open = 2,
    Reading = 3,
    Writing = 4,
    AtEnd = 5,
    Closed = 6,
    Error = 7,
};
