#include "calibration/pedestals.h"

#include <algorithm>

#include "calibration/gzip.h"
#include "calibration/pickle.h"

namespace brimo {

namespace {

// Total cells a decoded table may hold (floats, plus a few per window for its own vector). The
// pickle memo lets a small file reference one row many times over; this keeps such a file from
// expanding into gigabytes. It is above 96 channels x 512 windows x 1024 samples.
constexpr std::uint64_t kMaxTableCells = std::uint64_t(1) << 26;
constexpr std::uint64_t kCellsPerWindow = 6;

Err<PedestalDecodeError> fail(std::string what) { return err(PedestalDecodeError{std::move(what)}); }

// Feeds the pickle decoder straight from the inflating gzip stream, so the inflated file is never
// held in memory as a whole.
class GzipSource final : public pickle::Source {
public:
    explicit GzipSource(gzip::Inflater& inf) : inf_(inf) {}
    Result<std::size_t, pickle::PickleError> fill(std::uint8_t* dst, std::size_t cap) override {
        return inf_.read(dst, cap);
    }

private:
    gzip::Inflater& inf_;
};

// Selects the table from the top-level value: dict["data"] (text key first, then b"data"), or the
// first element of a list or tuple.
Result<pickle::Value, PedestalDecodeError> select_table(const pickle::Document& doc) {
    const pickle::Value root = doc.root;
    switch (root.kind) {
        case pickle::Kind::None:
            return fail("the pickle holds None");
        case pickle::Kind::Dict: {
            const pickle::Node& d = doc.node(root);
            if (d.data_text.kind != pickle::Kind::Absent) return d.data_text;
            if (d.data_bytes.kind != pickle::Kind::Absent) return d.data_bytes;
            return fail("the pickled dict has no \"data\" key");
        }
        case pickle::Kind::List:
        case pickle::Kind::Tuple: {
            const pickle::Node& s = doc.node(root);
            if (s.size() == 0) return fail("the pickled sequence is empty");
            return s.item(0);
        }
        default:
            return fail("the pickle holds neither a dict, a list nor a tuple");
    }
}

Result<Pedestals, PedestalDecodeError> to_pedestals(const pickle::Document& doc) {
    BRIMO_ASSIGN_OR_RETURN(const pickle::Value table, select_table(doc));
    if (!table.is_sequence()) return fail("the table is not a list or tuple");
    const pickle::Node& channels = doc.node(table);

    // First the shape, then the copy: a table over the cap is refused before anything is allocated.
    std::uint64_t cells = 0;
    for (std::size_t ch = 0; ch < channels.size(); ++ch) {
        const pickle::Value cv = channels.item(ch);
        if (!cv.is_sequence()) return fail("a channel of the table is not a list or tuple");
        const pickle::Node& windows = doc.node(cv);
        cells += windows.size() * kCellsPerWindow;
        if (cells > kMaxTableCells) return fail("the table is too large");
        for (std::size_t w = 0; w < windows.size(); ++w) {
            const pickle::Value wv = windows.item(w);
            if (!wv.is_sequence()) return fail("a window of the table is not a list or tuple");
            const pickle::Node& samples = doc.node(wv);
            if (!samples.numeric) return fail("a pedestal is not an int in 64 bits or a float");
            cells += samples.numbers.size();
            if (cells > kMaxTableCells) return fail("the table is too large");
        }
    }
    Pedestals out;
    out.data.resize(channels.size());
    for (std::size_t ch = 0; ch < channels.size(); ++ch) {
        const pickle::Node& windows = doc.node(channels.item(ch));
        auto& out_windows = out.data[ch];
        out_windows.resize(windows.size());
        for (std::size_t w = 0; w < windows.size(); ++w) {
            const pickle::Node& samples = doc.node(windows.item(w));
            out_windows[w].assign(samples.numbers.begin(), samples.numbers.end());
        }
    }
    return out;
}

}  // namespace

Result<Pedestals, PedestalDecodeError> Pedestals::from_bytes(std::span<const std::uint8_t> file) {
    BRIMO_ASSIGN_OR_RETURN(gzip::Inflater inf, gzip::Inflater::open(file));
    GzipSource source(inf);
    BRIMO_ASSIGN_OR_RETURN(const pickle::Document doc, pickle::decode(source));
    return to_pedestals(doc);
}

Result<void, CorrectionError> Pedestals::correct(EventBase& event, const Params& params) const {
    const std::uint64_t S = params.samples;
    for (std::uint64_t ch = 0; ch < params.channels; ++ch) {
        if (ch >= event.window_labels.size()) return err(CorrectionError{});
        const auto& labels = event.window_labels[ch];
        if (labels.empty()) continue;
        if (ch >= event.data.size()) return err(CorrectionError{});
        auto& samples = event.data[ch];
        if (samples.empty()) continue;
        if (ch >= data.size()) return err(CorrectionError{});
        if (S == 0) return err(CorrectionError{});
        const auto& table = data[ch];

        // Window by window: samples [start, start + S) come from window position w, whose window
        // number selects the pedestal row.
        float* d = samples.data();
        std::size_t left = samples.size();
        for (std::size_t w = 0; left > 0; ++w) {
            if (w >= labels.size()) return err(CorrectionError{});
            const std::uint16_t label = labels[w];
            if (label >= table.size()) return err(CorrectionError{});
            const std::vector<float>& row = table[label];
            const std::size_t n = S < left ? static_cast<std::size_t>(S) : left;
            const std::size_t usable = std::min(n, row.size());
            const float* p = row.data();
            for (std::size_t s = 0; s < usable; ++s) d[s] -= p[s];
            if (usable < n) return err(CorrectionError{});
            d += n;
            left -= n;
        }
    }
    return {};
}

}  // namespace brimo
