"""Configuration as a transaction: reading the running configuration,
comparing it with the intended one, replacing or merging towards it all or
nothing, confirming, rolling back and saving (``transaction``); the
hierarchical text of a configuration and its diff (``tree``); what to send
to get from one configuration to another (``remediation``)."""
