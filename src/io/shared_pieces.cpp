#include "io/shared_pieces.h"

#include <algorithm>
#include <cstring>

#include "io/bytes.h"

uint8_t* pieceToFill(SharedPieces& shared, size_t length) {
    std::unique_lock held(shared.lock);
    if (shared.handedOver - shared.usedUp == shared.pieces.size()) {
        shared.giverWaits = true;
        shared.changed.wait(held, [&] { return shared.takerGone || shared.handedOver - shared.usedUp <= shared.pieces.size() / 2; });
        shared.giverWaits = false;
    }
    if (shared.takerGone) return nullptr;
    SharedPiece& piece = shared.pieces[shared.handedOver % shared.pieces.size()];
    if (piece.bytes.size() < length && failed(allocateBuffer(piece.bytes, length))) {
        shared.takerGone = true;  // it reads the file itself
        shared.changed.notify_all();
        return nullptr;
    }
    return piece.bytes.data();
}

void handOverPiece(SharedPieces& shared, uint64_t position, size_t length) {
    const std::lock_guard held(shared.lock);
    SharedPiece& piece = shared.pieces[shared.handedOver % shared.pieces.size()];
    piece.position = position;
    piece.length = length;
    piece.taken = 0;
    ++shared.handedOver;
    if (shared.takerWaits) shared.changed.notify_all();
}

void endSharedPieces(SharedPieces& shared) {
    const std::lock_guard held(shared.lock);
    shared.giverDone = true;
    shared.changed.notify_all();
}

void letGoOfSharedPieces(SharedPieces& shared) {
    const std::lock_guard held(shared.lock);
    shared.takerGone = true;
    shared.changed.notify_all();
}

size_t takeSharedBytes(SharedPieces& shared, uint64_t position, uint8_t* destination, size_t count) {
    std::unique_lock held(shared.lock);
    shared.takerWaits = true;
    shared.changed.wait(held, [&] { return shared.takerGone || shared.giverDone || shared.handedOver > shared.usedUp; });
    shared.takerWaits = false;
    SharedPiece& piece = shared.pieces[shared.usedUp % shared.pieces.size()];
    if (shared.takerGone || shared.handedOver == shared.usedUp || piece.position + piece.taken != position) {
        shared.takerGone = true;
        shared.changed.notify_all();
        return 0;
    }
    const size_t taken = std::min(count, piece.length - piece.taken);
    held.unlock();  // the giver doesn't fill this piece again before it is used up
    std::memcpy(destination, piece.bytes.data() + piece.taken, taken);
    held.lock();
    piece.taken += taken;
    if (piece.taken == piece.length) {
        ++shared.usedUp;
        if (shared.giverWaits && shared.handedOver - shared.usedUp <= shared.pieces.size() / 2) shared.changed.notify_all();
    }
    return taken;
}
