"""Bases for router platforms."""
