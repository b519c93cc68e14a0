"""vesper: an HTTP and WebSocket client whose network work runs in native code.

The friendly API is being built; today the package holds the private asyncio
machinery (`vesper._loop`) on top of the native module `vesper_native36`.
"""
