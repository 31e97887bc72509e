#pragma once
#include <iosfwd>
#include <memory>

#include "fanout_sink.h"
#include "poller.h"

namespace vxpoll {

// Every output the options ask for, behind one sink. The only place that
// names them. Null when one cannot start (why is in err).
std::unique_ptr<FanoutSink> MakeOutputs(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace vxpoll
