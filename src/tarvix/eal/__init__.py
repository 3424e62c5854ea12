"""Device interaction: dialogs and the statements they are made of."""
