#include "serial/mscomm.h"

#include "core/runtime.h"

namespace tl {

MSComm::MSComm(LineDriver& driver, Poster post) : driver_(driver), post_(std::move(post)) {}

MSComm::~MSComm() { closeQuietly(); }

void MSComm::setCommPort(int16_t port) {
  if (line_) throw Error(err::kPortAlreadyOpen, "Der Anschluss ist bereits geöffnet.");
  if (port < 1 || port > 255)
    throw Error(err::kInvalidPort, "Ungültige Anschlussnummer: " + std::to_string(port));
  commPort_ = port;
}

bool MSComm::Holding(uint8_t line) {
  if (!line_) throw Error(err::kPortNotOpen, "Der Anschluss ist nicht geöffnet.");
  if (current_) return current_->levels & line;
  return line_->levels() & line;
}

int16_t MSComm::CommEvent() const {
  if (!current_) return 0;
  switch (current_->line) {
    case lines::DSR: return comEvDSR;
    case lines::DCD: return comEvCD;
    case lines::RI: return comEvRing;
    default: return comEvCTS;
  }
}

void MSComm::setPortOpen(bool open) {
  if (!open) {
    if (!line_) throw Error(err::kPortNotOpen, "Der Anschluss ist nicht geöffnet.");
    closeQuietly();
    return;
  }
  if (line_) throw Error(err::kPortAlreadyOpen, "Der Anschluss ist bereits geöffnet.");
  const uint64_t generation = ++generation_;
  Poster post = post_;
  MSComm* self = this;
  line_ = driver_.open(commPort_, dtr_, rts_, watch_, [post, self, generation](const LineEvent& ev) {
    post([self, generation, ev] { self->deliver(generation, ev); });
  });
}

void MSComm::closeQuietly() noexcept {
  ++generation_;
  line_.reset();
}

void MSComm::deliver(uint64_t generation, const LineEvent& ev) {
  if (generation != generation_ || !line_) return;
  if (ev.kind == LineEvent::Kind::Unplugged) {
    closeQuietly();
    if (OnUnplug) OnUnplug();
    return;
  }
  if (ev.kind == LineEvent::Kind::Failure) {
    line_.reset();
    ++generation_;
    throw Error(ev.number, ev.description);
  }
  current_ = &ev;
  struct Reset {
    const LineEvent*& p;
    ~Reset() { p = nullptr; }
  } reset{current_};
  if (OnComm) OnComm();
}

}  // namespace tl
