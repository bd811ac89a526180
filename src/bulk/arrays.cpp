#include "bulk/arrays.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "concurrency/first_exception.h"
#include "parsing/models.h"

namespace brimo::bulk {

namespace {

// Blocks from this size on are memory mappings; smaller ones come from malloc.
constexpr std::size_t kMapMin = std::size_t(256) << 10;
// Mappings from this size on ask for transparent huge pages.
constexpr std::size_t kHugeMin = std::size_t(2) << 20;

std::size_t page_round(std::size_t n) {
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

}  // namespace

Array::Array(std::size_t bytes) {
    if (bytes >= kMapMin) {
        b_.mapped = true;
        resize(bytes);
        return;
    }
    b_.data = std::malloc(bytes == 0 ? 1 : bytes);
    if (b_.data == nullptr) throw std::bad_alloc();
    b_.bytes = bytes;
    b_.capacity = bytes;
}

Array Array::growable() {
    Array a;
    a.b_.mapped = true;
    return a;
}

Array& Array::operator=(Array&& o) noexcept {
    if (this != &o) {
        free_block(b_);
        b_ = o.b_;
        o.b_ = Block{nullptr, 0, 0, false};
    }
    return *this;
}

void Array::resize(std::size_t bytes) {
    if (bytes <= b_.capacity) {
        b_.bytes = bytes;
        return;
    }
    const std::size_t cap = page_round(std::max({bytes, 2 * b_.capacity, std::size_t(64) << 10}));
    void* p = b_.data == nullptr ? ::mmap(nullptr, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                 : ::mremap(b_.data, b_.capacity, cap, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    if (cap >= kHugeMin) (void)::madvise(p, cap, MADV_HUGEPAGE);
    b_.data = p;
    b_.capacity = cap;
    b_.bytes = bytes;
}

void Array::free_block(const Block& b) noexcept {
    if (b.data == nullptr) return;
    if (b.mapped) {
        ::munmap(b.data, b.capacity);
    } else {
        std::free(b.data);
    }
}

namespace {

enum class ReadStatus { Ok, Short, Failed };

struct ReadOutcome {
    ReadStatus status;
    std::size_t got;  // bytes that arrived, also when the read ended Short or Failed
};

// Reads `len` bytes at `offset`, or as many as the file holds there.
ReadOutcome pread_full(int fd, std::uint8_t* buf, std::size_t len, std::uint64_t offset) {
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = ::pread(fd, buf + got, len - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return {ReadStatus::Failed, got};
        }
        if (n == 0) return {ReadStatus::Short, got};
        got += static_cast<std::size_t>(n);
    }
    return {ReadStatus::Ok, got};
}

// Where one requested packet lies, or why it cannot be read.
struct Packet {
    std::uint64_t chunk = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool ok = false;
    AcquisitionErrorKind error = AcquisitionErrorKind::Unknown;

    void fail(AcquisitionErrorKind kind) {
        ok = false;
        length = 0;
        error = kind;
    }
};

// Index entries read with one read at most.
constexpr std::size_t kMaxRun = 1 << 16;
// Events up to this length are not checked against the data file's size before they are read (the
// read tells); a longer or an empty one is, as single-event reads do.
constexpr std::uint64_t kUncheckedLength = std::uint64_t(1) << 20;

// Locates every requested packet in its chunk. Consecutive indices of one chunk share one read of
// their index entries. A packet gets the error a single-event read would give for it.
std::vector<Packet> locate(EventReader& reader, std::span<const std::uint64_t> indices) {
    std::vector<Packet> packets(indices.size());
    const std::vector<std::uint64_t>& ends = reader.ends();
    std::vector<std::uint8_t> entries;
    std::size_t i = 0;
    while (i < indices.size()) {
        const std::uint64_t index = indices[i];
        const auto it = std::upper_bound(ends.begin(), ends.end(), index);
        if (it == ends.end()) {
            packets[i++].fail(reader.beyond_error().kind);
            continue;
        }
        const std::uint64_t n = static_cast<std::uint64_t>(it - ends.begin());
        const std::uint64_t first = n == 0 ? 0 : ends[n - 1];
        std::size_t j = i + 1;
        while (j < indices.size() && j - i < kMaxRun && indices[j] == indices[j - 1] + 1 && indices[j] < *it) ++j;
        auto chunk = reader.chunk(n);
        if (!chunk) {
            for (std::size_t k = i; k < j; ++k) packets[k].fail(chunk.error().kind);
            i = j;
            continue;
        }
        const std::size_t count = j - i;
        entries.resize(8 * count);
        const auto [st, got] = pread_full((*chunk)->index_fd(), entries.data(), entries.size(), (index - first) * 8);
        const std::size_t available = st == ReadStatus::Failed ? 0 : got / 8;
        struct stat info;
        const int data_fd = (*chunk)->data_fd();
        const bool sized = ::fstat(data_fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0;
        const std::uint64_t data_size = sized ? static_cast<std::uint64_t>(info.st_size) : 0;
        for (std::size_t k = 0; k < count; ++k) {
            Packet& p = packets[i + k];
            p.chunk = n;
            if (k >= available) {
                p.fail(st == ReadStatus::Failed ? AcquisitionErrorKind::InvalidPath
                                                : AcquisitionErrorKind::IndexOutOfBounds);
                continue;
            }
            // Little-endian: offset in the low half, length in the high half.
            std::uint64_t word = 0;
            for (int b = 7; b >= 0; --b) word = (word << 8) | entries[8 * k + std::size_t(b)];
            p.offset = word & 0xffffffffu;
            p.length = word >> 32;
            p.ok = true;
            if (p.length == 0 || p.length > kUncheckedLength) {
                if (!sized) p.fail(AcquisitionErrorKind::InvalidPath);
                else if (p.offset + p.length > data_size) p.fail(AcquisitionErrorKind::IndexOutOfBounds);
            }
        }
        i = j;
    }
    return packets;
}

// Reads the located packets to dest + dest_offsets[k] (a failed packet takes no room). Packets that
// follow each other in one chunk's data file are read with one read; a packet the file no longer
// holds fails as a single-event read would.
void fetch(EventReader& reader, std::vector<Packet>& packets, std::uint8_t* dest,
           std::span<const std::uint64_t> dest_offsets) {
    std::size_t i = 0;
    while (i < packets.size()) {
        if (!packets[i].ok) {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        std::uint64_t span = packets[i].length;
        while (j < packets.size() && packets[j].ok && packets[j].chunk == packets[i].chunk &&
               packets[j].offset == packets[j - 1].offset + packets[j - 1].length) {
            span += packets[j].length;
            ++j;
        }
        auto chunk = reader.chunk(packets[i].chunk);
        if (!chunk) {
            for (std::size_t k = i; k < j; ++k) packets[k].fail(chunk.error().kind);
            i = j;
            continue;
        }
        const int fd = (*chunk)->data_fd();
        if (pread_full(fd, dest + dest_offsets[i], span, packets[i].offset).status != ReadStatus::Ok) {
            // The file shrank or a read failed: settle each packet of the run on its own.
            for (std::size_t k = i; k < j; ++k) {
                Packet& p = packets[k];
                const ReadStatus st = pread_full(fd, dest + dest_offsets[k], p.length, p.offset).status;
                if (st == ReadStatus::Short) p.fail(AcquisitionErrorKind::IndexOutOfBounds);
                if (st == ReadStatus::Failed) p.fail(AcquisitionErrorKind::InvalidPath);
            }
        }
        i = j;
    }
}

// Destination offsets of the packets: prefix sums of the lengths of those located.
std::vector<std::uint64_t> packet_offsets(const std::vector<Packet>& packets) {
    std::vector<std::uint64_t> offsets(packets.size() + 1);
    std::uint64_t at = 0;
    for (std::size_t k = 0; k < packets.size(); ++k) {
        offsets[k] = at;
        at += packets[k].ok ? packets[k].length : 0;
    }
    offsets[packets.size()] = at;
    return offsets;
}

std::optional<EventFailure> first_failure(const std::vector<Packet>& packets,
                                          std::span<const std::uint64_t> indices) {
    for (std::size_t k = 0; k < packets.size(); ++k)
        if (!packets[k].ok) return EventFailure{k, indices[k], acq_error(packets[k].error)};
    return std::nullopt;
}

// Runs body(k) for k in [0, count) on the pool, in about four sub-ranges per worker; an exception of
// any call (out of memory) is rethrown here.
template <class F>
void for_each_parallel(concurrency::WorkerPool& pool, std::size_t count, F&& body) {
    const std::size_t grain = std::max<std::size_t>(1, count / (4 * pool.size() + 1));
    concurrency::FirstException thrown;
    pool.parallel_for(count, grain, [&](std::size_t begin, std::size_t end) {
        thrown.run([&] {
            for (std::size_t k = begin; k < end; ++k) body(k);
        });
    });
    thrown.rethrow_if_any();
}

}  // namespace

Result<RawArrays, EventFailure> read_raw(EventReader& reader, std::span<const std::uint64_t> indices) {
    std::vector<Packet> packets = locate(reader, indices);
    if (auto f = first_failure(packets, indices)) return err(std::move(*f));
    const std::vector<std::uint64_t> offsets = packet_offsets(packets);
    RawArrays out{Array(offsets.back()), Array(sizeof(std::int64_t) * offsets.size())};
    fetch(reader, packets, out.bytes.as<std::uint8_t>(), offsets);
    if (auto f = first_failure(packets, indices)) return err(std::move(*f));
    std::memcpy(out.offsets.data(), offsets.data(), out.offsets.bytes());
    return out;
}

// ---------------------------------------------------------------------------------------------

struct ArrayBuilder::Impl {
    virtual ~Impl() = default;
    virtual std::optional<EventFailure> parse(EventReader& reader, std::span<const std::uint64_t> indices,
                                              std::size_t first_position) = 0;
    virtual Result<EventArrays, InternalError> finish() = 0;
    std::uint64_t last_part_bytes = 0;
    std::size_t min_part_events = 2;
};

namespace {

template <class Event>
class Builder final : public ArrayBuilder::Impl {
public:
    static constexpr bool kTiming = Event::has_timing;

    Builder(Params params, ReadOptions options, concurrency::WorkerPool& pool)
        : params_(std::move(params)), options_(std::move(options)), pool_(pool) {
        min_part_events = 2 * std::max<std::size_t>(pool.size(), 1);
        out_.has_timing = kTiming;
        out_.index = Array::growable();
        out_.data = Array::growable();
        out_.offsets = Array::growable();
        out_.time = Array::growable();
        out_.window_labels = Array::growable();
        out_.window_offsets = Array::growable();
        if (kTiming) out_.timing = Array::growable();
    }

    // A part: its packets are read into one buffer (kept for the next part), parsed and corrected
    // side by side into records, and the records are appended to the arrays and released. Only one
    // part's records exist at a time, and the arrays grow without being copied.
    std::optional<EventFailure> parse(EventReader& reader, std::span<const std::uint64_t> indices,
                                      std::size_t first_position) override {
        if (failed_) return std::nullopt;
        const std::size_t n = indices.size();
        std::vector<Packet> packets = locate(reader, indices);
        const std::vector<std::uint64_t> offsets = packet_offsets(packets);
        last_part_bytes = offsets.back();
        if (offsets.back() > raw_capacity_) {
            raw_.reset(new std::uint8_t[offsets.back()]);
            raw_capacity_ = offsets.back();
        }
        fetch(reader, packets, raw_.get(), offsets);

        records_.clear();
        records_.resize(n);
        std::vector<std::optional<EventError>> errors(n);
        const Pedestals* table = options_.pedestals ? &*options_.pedestals : nullptr;
        for_each_parallel(pool_, n, [&](std::size_t k) {
            if (!packets[k].ok) {
                errors[k] = acq_error(packets[k].error);
                return;
            }
            auto event = parse_into<Event>(Bytes(raw_.get() + offsets[k], packets[k].length), params_);
            if (!event) {
                errors[k] = event.error();
                return;
            }
            if (table != nullptr && !table->correct(*event, params_)) {
                errors[k] = CorrectionError{};
                return;
            }
            records_[k] = std::move(*event);
        });
        if (!options_.skip_failures) {
            for (std::size_t k = 0; k < n; ++k)
                if (errors[k]) return EventFailure{first_position + k, indices[k], std::move(*errors[k])};
        }
        if (!append(indices)) failed_ = true;
        records_.clear();
        return std::nullopt;
    }

    Result<EventArrays, InternalError> finish() override {
        if (failed_) return err(InternalError{std::move(problem_)});
        // The closing offsets.
        grow(out_.offsets, runs_ + 1);
        grow(out_.window_offsets, runs_ + 1);
        out_.offsets.as<std::int64_t>()[runs_] = samples_;
        out_.window_offsets.as<std::int64_t>()[runs_] = windows_;
        out_.channels = C_ ? *C_ : 0;
        return std::move(out_);
    }

private:
    static void grow(Array& a, std::size_t count) { a.resize(count * sizeof(std::int64_t)); }

    template <class T>
    static void copy(const std::vector<T>& from, T* to) {
        if (!from.empty()) std::memcpy(to, from.data(), from.size() * sizeof(T));
    }

    bool fail(const char* what) {
        problem_ = what;
        return false;
    }

    // Appends the part's records: offsets first (which also checks that every record has the shape
    // the layout needs), then the values, copied side by side.
    bool append(std::span<const std::uint64_t> indices) {
        std::vector<std::size_t> kept;
        for (std::size_t k = 0; k < records_.size(); ++k)
            if (records_[k]) kept.push_back(k);
        if (kept.empty()) return true;
        if (!C_) C_ = records_[kept[0]]->data.size();
        const std::size_t C = *C_;
        const std::size_t E0 = out_.events;
        const std::size_t E = kept.size();
        grow(out_.offsets, runs_ + E * C);
        grow(out_.window_offsets, runs_ + E * C);
        auto* so = out_.offsets.as<std::int64_t>() + runs_;
        auto* wo = out_.window_offsets.as<std::int64_t>() + runs_;
        for (std::size_t e = 0; e < E; ++e) {
            const Event& ev = *records_[kept[e]];
            if (ev.data.size() != C || ev.time.size() != C || ev.window_labels.size() != C)
                return fail("parsed events differ in their number of channels");
            if constexpr (kTiming) {
                if (ev.timing.size() != C) return fail("timing values do not match the channels");
            }
            for (std::size_t c = 0; c < C; ++c) {
                if (ev.time[c].size() != ev.data[c].size())
                    return fail("a channel's time axis does not match its samples");
                if constexpr (kTiming) {
                    if (ev.timing[c].size() != ev.window_labels[c].size())
                        return fail("a channel's timing values do not match its windows");
                }
                so[e * C + c] = samples_;
                wo[e * C + c] = windows_;
                samples_ += std::int64_t(ev.data[c].size());
                windows_ += std::int64_t(ev.window_labels[c].size());
            }
        }
        out_.events = E0 + E;
        runs_ += E * C;
        out_.index.resize(out_.events * sizeof(std::int64_t));
        out_.data.resize(std::size_t(samples_) * sizeof(float));
        out_.time.resize(std::size_t(samples_) * sizeof(std::uint16_t));
        out_.window_labels.resize(std::size_t(windows_) * sizeof(std::uint16_t));
        if (kTiming) out_.timing.resize(std::size_t(windows_) * sizeof(std::uint32_t));
        auto* index = out_.index.as<std::int64_t>() + E0;
        auto* data = out_.data.as<float>();
        auto* time = out_.time.as<std::uint16_t>();
        auto* labels = out_.window_labels.as<std::uint16_t>();
        [[maybe_unused]] auto* timing = out_.timing.as<std::uint32_t>();
        for_each_parallel(pool_, E, [&](std::size_t e) {
            std::optional<Event>& slot = records_[kept[e]];
            const Event& ev = *slot;
            index[e] = std::int64_t(indices[kept[e]]);
            for (std::size_t c = 0; c < C; ++c) {
                const std::size_t s = std::size_t(so[e * C + c]);
                const std::size_t w = std::size_t(wo[e * C + c]);
                copy(ev.data[c], data + s);
                copy(ev.time[c], time + s);
                copy(ev.window_labels[c], labels + w);
                if constexpr (kTiming) copy(ev.timing[c], timing + w);
            }
            slot.reset();
        });
        return true;
    }

    Params params_;
    ReadOptions options_;
    concurrency::WorkerPool& pool_;
    EventArrays out_;
    std::optional<std::size_t> C_;  // channels per event, from the first event kept
    std::size_t runs_ = 0;          // (event, channel) runs so far
    std::int64_t samples_ = 0;
    std::int64_t windows_ = 0;
    std::unique_ptr<std::uint8_t[]> raw_;  // the current part's packets
    std::uint64_t raw_capacity_ = 0;
    std::vector<std::optional<Event>> records_;  // the current part's records, by position in the part
    bool failed_ = false;
    std::string problem_;
};

}  // namespace

Result<ArrayBuilder, ParsingError> ArrayBuilder::create(Params params, ReadOptions options, concurrency::WorkerPool& pool) {
    const auto model = model_from_name(params.model);
    if (!model) return err(ParsingError::UnsupportedModel);
    std::unique_ptr<Impl> impl = visit_model(*model, [&](auto tag) -> std::unique_ptr<Impl> {
        using Event = typename decltype(tag)::type;
        return std::make_unique<Builder<Event>>(std::move(params), std::move(options), pool);
    });
    return ArrayBuilder(std::move(impl));
}

ArrayBuilder::ArrayBuilder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ArrayBuilder::ArrayBuilder(ArrayBuilder&&) noexcept = default;
ArrayBuilder& ArrayBuilder::operator=(ArrayBuilder&&) noexcept = default;
ArrayBuilder::~ArrayBuilder() = default;

std::optional<EventFailure> ArrayBuilder::parse(EventReader& reader, std::span<const std::uint64_t> indices,
                                                std::size_t first_position) {
    return impl_->parse(reader, indices, first_position);
}

Result<EventArrays, InternalError> ArrayBuilder::finish() { return impl_->finish(); }

std::uint64_t ArrayBuilder::last_part_bytes() const { return impl_->last_part_bytes; }

std::size_t ArrayBuilder::min_part_events() const { return impl_->min_part_events; }

}  // namespace brimo::bulk
