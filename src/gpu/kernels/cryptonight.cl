// CryptoNight kernels (placeholder until the kernels land).
