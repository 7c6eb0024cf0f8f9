// The timeline's row closing and its read-out with idle rows filled in.
#include "metrics/timeline.hpp"

namespace threads_main {

TimelineRow Timeline::summary() const noexcept
{
    static constexpr double qs[3] = {50, 95, 99};
    double p[3];
    hist_.percentiles(qs, p, 3);
    return TimelineRow{current_.second, current_.completed, current_.failed, p[0], p[1], p[2], hist_.max()};
}

void Timeline::close_row()
{
    closed_.push_back(summary());
    hist_.clear();
}

void Timeline::clear() noexcept
{
    // swap() rather than clear(): a long run's rows give their memory back.
    std::vector<TimelineRow>().swap(closed_);
    hist_.clear();
    current_ = Row{0, 0, 0};
    open_ = false;
    started_ = false;
    origin_ = 0;
}

std::vector<TimelineRow> Timeline::rows() const
{
    std::vector<TimelineRow> out;
    if (!open_) {
        return out;
    }
    auto fill_until = [&](int64_t second) {
        int64_t next = out.empty() ? 0 : out.back().second + row_width(out.back().second);
        for (; next < second; next += row_width(next)) {
            out.push_back(TimelineRow{next, 0, 0, 0, 0, 0, 0});
        }
    };
    for (const TimelineRow& row : closed_) {
        fill_until(row.second);
        out.push_back(row);
    }
    fill_until(current_.second);
    out.push_back(summary());
    return out;
}

}  // namespace threads_main
