#pragma once

#include <string>

namespace tvn {

class IGpsSource;

// What the pages keep apart from the server document: the blog's notification sound and the
// post that got the latest comment, the map key of the GPS pages, and the GPS receiver. The
// content stages own one (CPageStages::Settings); the shell loads it and hands it the
// receiver. Used on the event loop only.
class CPageSettings {
  public:
    // Reads BlogSound and GoogleApiKey, writing their defaults when missing. Until then the
    // blog plays nothing and the map pages ask for a key.
    void Load();

    const std::string& BlogSound() const { return blogSound; }
    // The map key the GPS pages use; empty while the owner has not given one.
    const std::string& GoogleApiKey() const { return googleApiKey; }
    // Keeps `key` for this run (storing it in the settings is the caller's).
    void SetGoogleApiKey(const std::string& key) { googleApiKey = key; }

    // The URL path of the post that got the latest comment; empty when none, or forgotten.
    void SetLastPost(const std::string& url) { lastPost = url; }
    void ClearLastPost() { lastPost.clear(); }
    // "localhost:<port><post>" of that post on the server's `port`, or empty.
    std::string LastPostLink(int port) const;

    // The GPS receiver (not owned; the shell's); none leaves the GPS pages without a fix.
    void SetGpsSource(IGpsSource* source) { gpsSource = source; }
    IGpsSource* GpsSource() const { return gpsSource; }

  private:
    std::string blogSound;
    std::string googleApiKey;
    std::string lastPost;
    IGpsSource* gpsSource = nullptr;
};

} // namespace tvn
