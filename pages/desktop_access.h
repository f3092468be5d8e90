#pragma once

namespace tvn {

class CRequestContext;

// The screenshot and the remote control show and drive the owner's desktop. They act for a
// request from this machine or its local networks (not through the relay), or for one that
// passed the password of the target's folder; anyone else gets the placeholder picture or
// the redirect with nothing run.
bool MayUseDesktop(const CRequestContext& context);

} // namespace tvn
