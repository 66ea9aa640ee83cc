"""The modules of scripts/release-wheels."""
