#pragma once
// The virtual analyzer served on a pseudo-terminal in real time: a thread answers on the
// master side while any program opens the slave as its serial port (DRIVER_DEVICE=<slave>, or
// QUELLAR_COM<n>=<slave> for port n). Time is the steady clock's; with pacing the bytes take
// their time at the line speed. The thread sleeps in poll() with bounded time-outs.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "sim/SimPeer.h"

namespace quellar::sim {

class TSimPtyServer {
 public:
  explicit TSimPtyServer(const TSimSample& sample = {}, const TSimLine& line = {},
                         const TSimFaults& faults = {});
  ~TSimPtyServer();
  TSimPtyServer(const TSimPtyServer&) = delete;
  TSimPtyServer& operator=(const TSimPtyServer&) = delete;

  // Opens the pseudo-terminal and starts serving; link, when not empty, becomes a symbolic
  // link to the slave (replacing an older link, never another kind of file). False with the
  // reason in error.
  bool Start(const std::string& link, std::string& error);
  // Stops the thread, closes the terminal and removes the link. Safe to call twice.
  void Stop();
  const std::string& SlavePath() const { return slave_; }
  const std::string& LinkPath() const { return link_; }

  // Runs fn(peer) under the server's lock, for looking at or changing the analyzer.
  template <class F>
  auto Inspect(F&& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::forward<F>(fn)(peer_);
  }

 private:
  void Serve();
  int64_t Now() const;

  std::mutex mutex_;
  TSimPeer peer_;
  std::chrono::steady_clock::time_point origin_;
  int master_ = -1;
  int wake_[2] = {-1, -1};
  std::string slave_, link_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace quellar::sim
