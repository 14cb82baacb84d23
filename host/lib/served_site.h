// A site a host serves while its session runs (the demo's pages). The
// session only keeps it: destroying it stops serving. The servers
// themselves live above the host model, in host/serve.
#pragma once

namespace VardokHost {

class iServedSite {
 public:
  virtual ~iServedSite() = default;
};

}  // namespace VardokHost
