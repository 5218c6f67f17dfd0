"""Test bed: network namespaces, Wine prefixes inside them, gateways real and scripted."""
