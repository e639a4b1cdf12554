"""Service infrastructure of the application."""
