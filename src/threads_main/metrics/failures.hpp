// The causes of a batch's failures: how often each one was seen, when first and last, and one task
// it ended. A cause is a text (the exception's type and message, or the break result a result
// matched); the text is made by whoever records, this keeps nothing of Python.
//
// Bounded memory: at most kMaxCauses distinct causes, each text cut to kMaxText bytes (the caller
// cuts it on a character boundary). A cause first seen once kMaxCauses are kept is counted in one
// more entry, "(other causes)", with its own count, first, last and example, so the counts always
// add up to every failure recorded; a busy run whose failures say a hundred different things keeps
// about 40 KB here. Same threading rule as the histogram: the recorder holds the interpreter lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace threads_main {

class Failures {
public:
    static constexpr size_t kMaxCauses = 100;
    static constexpr size_t kMaxText = 300;
    static constexpr std::string_view kOther = "(other causes)";

    struct Cause {
        std::string text;
        std::string example;  // the first task it ended
        uint64_t count = 0;
        int64_t first_ns = 0;  // monotonic clock
        int64_t last_ns = 0;
    };

    // A failure of task `example` at `at_ns`, of cause `text`. May allocate (throws bad_alloc).
    void record(std::string_view text, std::string_view example, int64_t at_ns)
    {
        add(text, example, 1, at_ns, at_ns);
    }

    // `count` failures of cause `text` seen from `first_ns` to `last_ns`, the first of them task
    // `example`: another record's cause, merged into this one. Merging causes in the order they were
    // first seen keeps the same causes as one record that saw every failure would (up to those
    // that other records had already counted as "(other causes)"). May allocate.
    void add(std::string_view text, std::string_view example, uint64_t count, int64_t first_ns, int64_t last_ns)
    {
        Cause* cause = nullptr;
        auto found = text == kOther ? index_.end() : index_.find(std::string(text));
        if (found != index_.end()) {
            cause = &causes_[found->second];
        }
        else if (text != kOther && causes_.size() < kMaxCauses) {
            causes_.push_back(Cause{std::string(text), std::string(example), 0, first_ns, last_ns});
            index_.emplace(causes_.back().text, causes_.size() - 1);
            cause = &causes_.back();
        }
        else {
            if (other_.count == 0) {
                other_ = Cause{std::string(kOther), std::string(example), 0, first_ns, last_ns};
            }
            cause = &other_;
        }
        if (first_ns < cause->first_ns) {
            cause->example = example;
        }
        cause->count += count;
        cause->first_ns = std::min(cause->first_ns, first_ns);
        cause->last_ns = std::max(cause->last_ns, last_ns);
    }

    // Most frequent first (ties: the one seen first), "(other causes)" last.
    std::vector<Cause> causes() const
    {
        std::vector<Cause> out = causes_;
        std::stable_sort(out.begin(), out.end(), [](const Cause& a, const Cause& b) { return a.count > b.count; });
        if (other_.count) {
            out.push_back(other_);
        }
        return out;
    }

    void clear() noexcept
    {
        std::vector<Cause>().swap(causes_);
        index_.clear();
        other_ = Cause{};
    }

private:
    std::vector<Cause> causes_;  // in the order first seen
    std::unordered_map<std::string, size_t> index_;
    Cause other_;
};

}  // namespace threads_main
