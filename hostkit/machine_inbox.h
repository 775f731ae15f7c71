// The inputs of a state machine driven from callbacks: an input fed while the actions of an
// earlier one are carried out waits its turn, so a machine never steps inside its own step.
#pragma once

#include <deque>
#include <utility>

namespace kelvra::hostkit {

template <typename Input>
class MachineInbox {
 public:
  // Queues `input`; unless already dispatching, hands each queued input to `step` in order
  // (`step` may feed more).
  template <typename Step>
  void feed(Input input, Step&& step) {
    inputs_.push_back(std::move(input));
    if (dispatching_) return;
    dispatching_ = true;
    struct Done {
      bool& flag;
      ~Done() { flag = false; }
    } done{dispatching_};
    while (!inputs_.empty()) {
      Input next = std::move(inputs_.front());
      inputs_.pop_front();
      step(std::move(next));
    }
  }

 private:
  std::deque<Input> inputs_;
  bool dispatching_ = false;
};

}  // namespace kelvra::hostkit
