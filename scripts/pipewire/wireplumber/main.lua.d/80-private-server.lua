-- The private test server's session manager (scripts/private-audio-server.sh): headless, without
-- a session bus, and with the virtual devices the script makes as its only devices. Sorts after
-- the packaged 50-*-config.lua files, whose settings it changes, and before 90-enable-all.lua,
-- which acts on them.

-- Sound cards and cameras stay out of a private server; reserving a card would need the session
-- bus, without which the session manager exits.
alsa_monitor.enabled = false
alsa_monitor.properties["alsa.reserve"] = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false

-- The Flatpak portal lives on the session bus.
default_access.properties["enable-flatpak-portal"] = false
