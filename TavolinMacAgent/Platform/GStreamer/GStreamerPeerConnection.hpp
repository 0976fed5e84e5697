#pragma once

#include <memory>

#include "TavolinMacAgent/Platform/PeerConnection.hpp"

namespace tavolin {

class GStreamerPipelineTeardown;

// Peer connections on GStreamer's webrtcbin, each with a pipeline of its own. GStreamer starts
// with the first one; the H.264 encoder is chosen with the first one that sends video (VAAPI when
// it encodes on this machine, else x264). Observer callbacks come from webrtcbin's threads.
//
// close() (or dropping the last reference) silences the peer connection at once and leaves
// bringing its pipeline down, which joins webrtcbin's thread and every streaming thread, to the
// factory's teardown queue (label ending ".webrtc-teardown"): the caller, the main actor or one of
// those very threads, never waits for it. Destroying the factory waits for every teardown handed
// to it, so drop it last, and not on a thread of a pipeline it may still tear down.
// Thread-safe.
class GStreamerPeerConnectionFactory final : public PeerConnectionFactory {
 public:
  GStreamerPeerConnectionFactory();
  ~GStreamerPeerConnectionFactory() override;

  std::shared_ptr<PeerConnection> makePeerConnection(
      const PeerConnectionConfiguration& configuration, PeerConnection::Observer observer) override;

 private:
  std::shared_ptr<GStreamerPipelineTeardown> teardown_;
};

}  // namespace tavolin
