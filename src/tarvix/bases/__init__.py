"""Base classes that platform plugins build on."""
