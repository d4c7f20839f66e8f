// What the Windows firewall back-end (platform/win32/firewall_win32.cpp) tells about itself,
// for the tests that run the opening through the real COM objects. Linux has no such
// objects.
#pragma once

// How many COM references the back-end's objects hold right now. Between two firewall
// operations only the authorized-applications collection of an open CFirewallException is
// held; 0 everywhere else.
long FirewallPlatformReferencesHeld();
