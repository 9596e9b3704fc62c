// Temporary: lets the empty module link until the frame lands.
