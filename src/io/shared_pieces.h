// Pieces of a region that one thread reads (to write them out) and hands to another that reads the
// same region behind it, so that the file is read once. The taker takes them in order through its
// reader; once it reads elsewhere, or lets go, it reads the file itself, and the giver goes on
// without it. Neither waits for the other longer than the other goes on.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

struct SharedPiece {
    std::vector<uint8_t> bytes;
    uint64_t position = 0;  // in the region
    size_t length = 0;
    size_t taken = 0;
};

struct SharedPieces {
    std::mutex lock;
    std::condition_variable changed;
    std::array<SharedPiece, 8> pieces;
    size_t handedOver = 0;  // pieces in all, the first in pieces[0], then round
    size_t usedUp = 0;
    bool giverWaits = false;  // for half the pieces to be used up: each wakes the other seldom
    bool takerWaits = false;
    bool giverDone = false;  // no more come
    bool takerGone = false;  // none is taken any more
};

// The giver's room for the next piece, once the taker has used up the piece there before; null once
// the taker is gone, or where there is no memory for it: then the giver reads for itself alone.
uint8_t* pieceToFill(SharedPieces& shared, size_t length);
void handOverPiece(SharedPieces& shared, uint64_t position, size_t length);
void endSharedPieces(SharedPieces& shared);

// Copies up to count bytes from position on out of the pieces, waiting for the next one; 0 where
// none holds them (the giver is done, or was elsewhere): the taker is then gone.
size_t takeSharedBytes(SharedPieces& shared, uint64_t position, uint8_t* destination, size_t count);
void letGoOfSharedPieces(SharedPieces& shared);
