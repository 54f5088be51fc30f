// Several threads allocate, fill, reallocate and free blocks, and hand a share of them to each
// other through a queue, so that blocks are freed by threads that did not allocate them. Every
// block carries its own id in every byte; the output (counts and a checksum of what each thread
// received and verified) is the same under any allocator and any scheduling.
// Usage: threaded_handoff [threads] [blocks per thread]
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// Under the thread sanitizer, whose runtime owns malloc, the shim is linked in under prefixed
// names instead of preloaded.
#ifdef VELK_SHIM_PREFIXED
extern "C" {
void* velk_shim_malloc(std::size_t);
void* velk_shim_calloc(std::size_t, std::size_t);
void* velk_shim_realloc(void*, std::size_t);
void velk_shim_free(void*);
}
#define ALLOCATOR(name) velk_shim_##name
#else
#define ALLOCATOR(name) std::name
#endif

namespace {

struct Handed {
  unsigned char* payload;
  std::size_t size;
  std::uint32_t id;
};

class Queue {
 public:
  void put(Handed handed) {
    std::lock_guard<std::mutex> guard(mutex_);
    items_.push_back(handed);
    ready_.notify_one();
  }
  // False once every producer is done and the queue is empty.
  bool take(Handed& handed) {
    std::unique_lock<std::mutex> guard(mutex_);
    ready_.wait(guard, [&] { return !items_.empty() || producers_ == 0; });
    if (items_.empty()) return false;
    handed = items_.front();
    items_.pop_front();
    return true;
  }
  void producers(int count) { producers_ = count; }
  void producerDone() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (--producers_ == 0) ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Handed> items_;
  int producers_ = 0;
};

std::uint32_t nextRandom(std::uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

unsigned char stamp(std::uint32_t id) {
  return static_cast<unsigned char>(id * 2654435761u >> 24);
}

bool intact(const Handed& handed) {
  const unsigned char expected = stamp(handed.id);
  for (std::size_t index = 0; index < handed.size; ++index)
    if (handed.payload[index] != expected) return false;
  return true;
}

struct Tally {
  std::uint64_t made = 0;
  std::uint64_t freedHere = 0;
  std::uint64_t damaged = 0;
  std::uint64_t checksum = 0;
};

void produce(int thread, int blocks, Queue& queue, Tally& tally) {
  std::uint32_t state = static_cast<std::uint32_t>(thread) * 7919u + 1;
  std::vector<Handed> kept;
  for (int block = 0; block < blocks; ++block) {
    const std::uint32_t id = static_cast<std::uint32_t>(thread * blocks + block);
    const std::uint32_t roll = nextRandom(state);
    std::size_t size = roll % 16 == 0 ? 2000 + roll % 200000 : 1 + roll % 700;
    auto* payload = static_cast<unsigned char*>(roll % 5 == 0 ? ALLOCATOR(calloc)(size, 1)
                                                              : ALLOCATOR(malloc)(size));
    std::memset(payload, stamp(id), size);
    if (roll % 7 == 0) {
      const std::size_t larger = size + roll % 5000;
      payload = static_cast<unsigned char*>(ALLOCATOR(realloc)(payload, larger));
      std::memset(payload + size, stamp(id), larger - size);
      size = larger;
    }
    ++tally.made;
    Handed handed{payload, size, id};
    if (roll % 3 == 0) {
      queue.put(handed);
    } else {
      kept.push_back(handed);
      if (kept.size() > 500) {
        const std::size_t victim = nextRandom(state) % kept.size();
        if (!intact(kept[victim])) ++tally.damaged;
        tally.checksum += kept[victim].id;
        ALLOCATOR(free)(kept[victim].payload);
        ++tally.freedHere;
        kept[victim] = kept.back();
        kept.pop_back();
      }
    }
  }
  for (const Handed& handed : kept) {
    if (!intact(handed)) ++tally.damaged;
    tally.checksum += handed.id;
    ALLOCATOR(free)(handed.payload);
    ++tally.freedHere;
  }
  queue.producerDone();
}

void consume(Queue& queue, Tally& tally) {
  Handed handed{};
  while (queue.take(handed)) {
    if (!intact(handed)) ++tally.damaged;
    tally.checksum += handed.id;
    ALLOCATOR(free)(handed.payload);
    ++tally.freedHere;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 4;
  const int blocks = argc > 2 ? std::atoi(argv[2]) : 100000;
  Queue queue;
  queue.producers(threads);
  std::vector<Tally> produced(static_cast<std::size_t>(threads));
  std::vector<Tally> consumed(2);
  std::vector<std::thread> workers;
  for (int thread = 0; thread < threads; ++thread) {
    workers.emplace_back(produce, thread, blocks, std::ref(queue),
                         std::ref(produced[static_cast<std::size_t>(thread)]));
  }
  for (Tally& tally : consumed) workers.emplace_back(consume, std::ref(queue), std::ref(tally));
  for (std::thread& worker : workers) worker.join();

  Tally total;
  for (int thread = 0; thread < threads; ++thread) {
    const Tally& tally = produced[static_cast<std::size_t>(thread)];
    std::printf("thread %d made %llu blocks\n", thread,
                static_cast<unsigned long long>(tally.made));
    total.made += tally.made;
  }
  for (const std::vector<Tally>* group : {&produced, &consumed}) {
    for (const Tally& tally : *group) {
      total.freedHere += tally.freedHere;
      total.damaged += tally.damaged;
      total.checksum += tally.checksum;
    }
  }
  std::printf("made %llu freed %llu damaged %llu checksum %llu\n",
              static_cast<unsigned long long>(total.made),
              static_cast<unsigned long long>(total.freedHere),
              static_cast<unsigned long long>(total.damaged),
              static_cast<unsigned long long>(total.checksum));
  return total.damaged == 0 && total.made == total.freedHere ? 0 : 1;
}
