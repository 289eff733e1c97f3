"""Process-wide settings that the framework consults on every request."""
