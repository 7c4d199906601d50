-- The private test server has no Bluetooth; its monitor would need the system bus and logind.
bluez_monitor.enabled = false
