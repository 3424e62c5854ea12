"""The framework's core: the plugin registry and the error classes."""
