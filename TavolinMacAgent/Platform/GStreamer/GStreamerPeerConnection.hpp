#pragma once

#include <memory>

#include "TavolinMacAgent/Platform/PeerConnection.hpp"

namespace tavolin {

// Peer connections on GStreamer's webrtcbin, each with a pipeline of its own. GStreamer starts
// with the first one; the H.264 encoder is chosen with the first one that sends video (VAAPI when
// it encodes on this machine, else x264). Observer callbacks come from webrtcbin's threads;
// closing a peer connection (or dropping the last reference to it) inside one would wait for that
// very thread, so do it from your own executor. Thread-safe.
class GStreamerPeerConnectionFactory final : public PeerConnectionFactory {
 public:
  std::shared_ptr<PeerConnection> makePeerConnection(
      const PeerConnectionConfiguration& configuration, PeerConnection::Observer observer) override;
};

}  // namespace tavolin
