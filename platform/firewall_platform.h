// What the firewall back-end of this platform tells about itself, for tests that run the
// opening through the real platform objects.
#pragma once

// How many platform references (COM references on Windows) the back-end's objects hold
// right now. Between two firewall operations only the authorized-applications collection
// of an open CFirewallException is held; 0 everywhere else.
long FirewallPlatformReferencesHeld();
