"""Platform abstractions of the application."""
