#include "decoders.h"

bool UnitSource::verifyThrough(uint64_t offset) {
    if (!fallback_) return true;  // every unit handed out was decoded whole
    if (fallback_->verifyThrough(offset)) return true;
    failLike(*fallback_);
    return false;
}

bool UnitSource::take(size_t n) {
    while (n > 0) {
        if (!in_.ensure(1) || in_.available() == 0) return false;
        const size_t k = std::min(n, in_.available());
        taken_.append(reinterpret_cast<const char*>(in_.next()), k);
        in_.use(k);
        consumed_ = in_.consumed();
        n -= k;
    }
    return true;
}

ssize_t UnitSource::decode(char* dst, size_t n, bool oneUnit) {
    for (;;) {
        if (fallback_) {
            const ssize_t got = fallback_->read(dst, n);
            consumed_ = fallback_->consumed();
            return got < 0 ? failLike(*fallback_) : got;
        }
        if (units_.empty()) fill();
        if (units_.empty()) {
            if (in_.error()) return failWith(in_.error());
            if (!in_.ended() || !taken_.empty()) return startFallback(dst, n);
            units_.dropSpare();  // the buffers go at the end of the data
            return atEnd(lastSize_);
        }
        Unit& front = units_.oldest();
        if (!front.good) return startFallback(dst, n);
        if (at_ < front.outSize) {
            const size_t take = std::min(n, front.outSize - at_);
            std::memcpy(dst, front.out.get() + at_, take);
            at_ += take;
            produced_ += take;
            return static_cast<ssize_t>(take);
        }
        lastSize_ = front.outSize;
        units_.release();
        at_ = 0;
        fill();
        if (oneUnit) return 0;
    }
}

// Cuts units and queues them, up to the slots; the first time only one, so
// that an input opened but not read yet (whose first bytes are decoded at
// once) holds one unit.
void UnitSource::fill() {
    const size_t slots = filled_ ? slots_ : 1;
    filled_ = true;
    while (units_.size() < slots && !stopped_) {
        Unit& unit = units_.next();
        if (!cut(unit)) {
            stopped_ = true;
            return;
        }
        unit.in.swap(taken_);
        taken_.clear();
        // Buffers as large as the largest unit yet, so that units of about
        // one size reuse them rather than map new ones.
        largest_ = std::max(largest_, unit.bound);
        if (unit.outCapacity < unit.bound) {
            unit.out.reset(new char[largest_]);
            unit.outCapacity = largest_;
        }
        units_.submit([decodeUnit = decodeUnit_](Unit& u) { u.good = decodeUnit(u); });
    }
}

// From the first unit not handed out, the sequential decoder reads what is
// left: the units queued, the bytes taken since, and the rest of the file.
ssize_t UnitSource::startFallback(char* dst, size_t n) {
    if (in_.error()) return failWith(in_.error());
    std::string rest;
    units_.forEachPending([&](const Unit& u) { rest.append(u.in); });
    rest.append(taken_);
    units_.stop();
    std::string().swap(taken_);
    fallback_ = sequential(in_.rest(std::move(rest)), produced_, produced_ ? lastSize_ : 0);
    return decode(dst, n, false);
}
