"""Windows-specific modules of the application (native volumes and winwrap live here)."""
