// The decoding stream's thread: the codec decodes into a bounded queue of pieces while the
// reader takes them, so that decoding and what the reader does with the data overlap.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"

namespace {

// Compressed bytes read from Source at a time.
constexpr size_t kDecodeInput = size_t(128) << 10;
// How long a waiting reader goes without processing window messages.
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

}  // namespace

// Everything here but Piece and PiecePos (the reader's) is guarded by M. The codec's state and
// Source belong to the thread while it runs; FStopped, FFailed and FDecodeError are read by the
// reader only after Done was seen under M.
struct TDecodeStream::TAhead {
  std::mutex M;
  std::condition_variable Changed;
  std::deque<std::vector<uint8_t>> Queue;   // decoded pieces, in order
  std::vector<std::vector<uint8_t>> Spare;  // pieces the reader finished, for reuse
  bool Done = false;                        // the codec stopped; nothing more will be queued
  bool Stop = false;                        // the reader asks the thread to end
  std::vector<uint8_t> Piece;               // the piece the reader takes from
  size_t PiecePos = 0;
  std::thread Thread;
};

// Here, where TAhead is complete.
TDecodeStream::TDecodeStream(TStream32& Source, size_t MagicLen, const char* Name)
    : FSource(Source), FStart(Source.Position()), FMagicLen(MagicLen), FName(Name), FInBuf(kDecodeInput) {}

TDecodeStream::~TDecodeStream() { StopAhead(); }

void TDecodeStream::StartAhead() {
  FAhead = std::make_unique<TAhead>();
  FAhead->Thread = std::thread([this] { RunAhead(); });
}

void TDecodeStream::StopAhead() {
  if (!FAhead) return;
  {
    std::lock_guard<std::mutex> lock(FAhead->M);
    FAhead->Stop = true;
  }
  FAhead->Changed.notify_all();
  FAhead->Thread.join();
  FAhead.reset();
}

void TDecodeStream::RunAhead() {
  TAhead& a = *FAhead;
  for (;;) {
    std::vector<uint8_t> piece;
    {
      std::unique_lock<std::mutex> lock(a.M);
      a.Changed.wait(lock, [&] { return a.Queue.size() < kAheadPieces || a.Stop; });
      if (a.Stop) return;
      if (!a.Spare.empty()) {
        piece = std::move(a.Spare.back());
        a.Spare.pop_back();
      }
    }
    size_t n = 0;
    try {
      piece.resize(kAheadPiece);
      n = DecodeGuarded(piece.data(), piece.size());
    } catch (const std::bad_alloc&) {
      Fail(ecOutOfMemory, "out of memory");
    } catch (...) {
      // Nothing may leave the thread; the reader meets the failure where the data ends.
      Fail(ecStreamReadWrite, "decoding failed");
    }
    piece.resize(n);
    {
      std::lock_guard<std::mutex> lock(a.M);
      if (n > 0) a.Queue.push_back(std::move(piece));
      a.Done = FStopped;
    }
    a.Changed.notify_all();
    if (FStopped) return;
  }
}

size_t TDecodeStream::TakeAhead(uint8_t* Out, size_t Count) {
  TAhead& a = *FAhead;
  size_t got = 0;
  bool reached = false;
  while (got < Count && !reached) {
    if (a.PiecePos == a.Piece.size()) {
      std::unique_lock<std::mutex> lock(a.M);
      if (a.Piece.capacity() > 0 && a.Spare.size() < kAheadPieces) a.Spare.push_back(std::move(a.Piece));
      a.Piece.clear();
      a.PiecePos = 0;
      while (a.Queue.empty() && !a.Done) {
        if (a.Changed.wait_for(lock, kWaitSlice) == std::cv_status::timeout) {
          lock.unlock();
          ProcessMessages();
          lock.lock();
        }
      }
      if (a.Queue.empty()) {
        reached = true;
        break;
      }
      a.Piece = std::move(a.Queue.front());
      a.Queue.pop_front();
      lock.unlock();
      a.Changed.notify_all();
    }
    const size_t n = std::min(Count - got, a.Piece.size() - a.PiecePos);
    std::memcpy(Out + got, a.Piece.data() + a.PiecePos, n);
    a.PiecePos += n;
    got += n;
  }
  // All the data before the stop delivered: the reader has reached it, as without the thread.
  if (!reached && a.PiecePos == a.Piece.size()) {
    std::lock_guard<std::mutex> lock(a.M);
    reached = a.Queue.empty() && a.Done;
  }
  if (reached) ReachStop();
  return got;
}
