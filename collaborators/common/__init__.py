"""Shared helpers of the application: clock, volume records, services."""
