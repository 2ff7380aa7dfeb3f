/* Keeps the archive non-empty while the decoder has no sources yet. */
